"""Scenes from Python: shapes made from lists and numpy arrays and read from files, the
checks on their values, and a scene rendered by a servo loop on the simulated arm while
its shapes change; and the shapes example."""

import math
import re
import time

import pytest

import TavixHardwareAPI as api
from example_runs import output_of
from tavix import simulator

# A cube of side 0.1 m around the origin: vertex i at (+-0.05) per bit of i (x, y, z), and
# its triangles counter-clockwise seen from outside.
CUBE_VERTICES = [[0.05 if i & bit else -0.05 for bit in (1, 2, 4)] for i in range(8)]
CUBE_TRIANGLES = [[0, 2, 3], [0, 3, 1], [4, 5, 7], [4, 7, 6], [0, 1, 5], [0, 5, 4],
                  [2, 6, 7], [2, 7, 3], [0, 4, 6], [0, 6, 2], [1, 3, 7], [1, 7, 5]]


def pressed(scene, target, steps=50):
    """The force after walking the device from outside (z = 0.1) straight down to `target`."""
    force = scene.step([target[0], target[1], 0.1], 0.001)
    for i in range(1, steps + 1):
        force = scene.step([target[0], target[1], 0.1 + (target[2] - 0.1) * i / steps], 0.001)
    return force


def test_a_mesh_from_numpy_arrays_feels_as_one_from_lists_and_the_material_sets_the_force():
    numpy = pytest.importorskip("numpy")
    material = api.Material(stiffness=2000.0)
    from_lists = api.Mesh(CUBE_VERTICES, CUBE_TRIANGLES, material)
    from_arrays = api.Mesh(numpy.array(CUBE_VERTICES, dtype=numpy.float32),
                           numpy.array(CUBE_TRIANGLES, dtype=numpy.int64), material)
    assert from_lists.triangle_count == from_arrays.triangle_count == 12
    forces = [pressed(api.Scene([mesh]), [0.0, 0.0, 0.045]) for mesh in (from_lists, from_arrays)]
    assert forces[0] == pytest.approx(forces[1])
    assert forces[0] == pytest.approx([0.0, 0.0, 2000.0 * 0.005], abs=1e-3)


def test_mesh_from_file_reads_stl_and_obj(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    box = trimesh.creation.box(extents=[20.0, 20.0, 20.0])  # mm
    for suffix in (".stl", ".obj"):
        path = tmp_path / ("box" + suffix)
        box.export(str(path))
        mesh = api.Mesh.from_file(str(path), scale=0.001)
        assert mesh.triangle_count == 12
        assert pressed(api.Scene([mesh]), [0.0, 0.0, 0.008])[2] == pytest.approx(1000.0 * 0.002, rel=1e-3)


@pytest.mark.parametrize("make", [
    lambda: api.Sphere([0, 0, math.nan], 0.1),
    lambda: api.Sphere([0, 0, 0], -0.1),
    lambda: api.Box([0, 0, 0], [0.1, 0.1], [0, 0, 0, 1]),
    lambda: api.Box([0, 0, 0], [0.1, 0.1, 0.1], [0, 0, 0, 0]),
    lambda: api.Plane([0, 0, 0], [0, 0, 0]),
    lambda: api.Mesh(CUBE_VERTICES, [[0, 1, 8]]),
    lambda: api.Mesh(CUBE_VERTICES, [[0, -1, 2]]),
    lambda: api.Sphere([0, 0, 0], 0.1, api.Material(static_friction=0.2, dynamic_friction=0.5)),
    lambda: api.Sphere([0, 0, 0], 0.1, api.Material(stiffness=-1.0)),
    lambda: api.Scene().step([0, 0, 0], 0.0),
])
def test_values_that_cannot_be_rendered_raise_value_error(make):
    with pytest.raises(ValueError):
        make()


def test_a_scene_in_a_running_loop_takes_shapes_added_moved_and_removed():
    with simulator.running("arm") as path, api.Port(path, timeout=0.2) as port:
        arm = api.Morvek3(port)
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        # A ball just below the end effector, which rests on its top.
        ball = api.Sphere([start[0], start[1], start[2] - 0.0195], 0.02, api.Material(stiffness=500.0))
        scene = api.Scene()
        loop = api.ServoLoop(arm, max_force=2.0)
        loop.add(scene)
        with loop:
            scene.add(ball)
            give_up = time.monotonic() + 5.0
            while not scene.proxy().in_contact:
                assert time.monotonic() < give_up, "the proxy never touched the ball"
                time.sleep(0.005)
            proxy = scene.proxy()
            assert proxy.shape is ball
            assert proxy.normal[2] > 0.9
            for step in range(20):
                ball.position = [start[0], start[1] + 0.0005 * step, start[2] - 0.0195]
                time.sleep(0.002)
            scene.remove(ball)
            time.sleep(0.02)
            assert not scene.proxy().in_contact
        assert loop.error is None


def test_the_shapes_example_touches_each_shape_in_turn():
    out = output_of("shapes.py", "--seconds", "3")
    touched = re.findall(r"touching the (\w+) ", out)
    assert touched == ["box", "sphere", "pyramid"]
    for name in touched:
        assert re.search(name + r" +in contact for about [\d.]+ s, pushing back with up to [\d.]+ N", out)
