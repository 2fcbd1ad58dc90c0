"""Reads triangle meshes from files for TavixHardwareAPI.Mesh, through trimesh (the
`mesh` extra: pip install 'TavixHardwareAPI[mesh]'), which knows STL, OBJ, PLY and more.

The module attaches `from_file` to its Mesh class as a static method; this file imports
the module only when a file is read, as the module imports this file while it
initialises.
"""

from typing import Any, Optional


def from_file(path: str, material: Optional[Any] = None, scale: float = 1.0) -> Any:
    """A Mesh read from an STL or OBJ file (anything trimesh reads), its vertices times
    `scale` (files are often in mm: scale=0.001). Several bodies in one file become one
    mesh. Raises ImportError naming the extra when trimesh is not installed."""
    try:
        import trimesh
    except ImportError as missing:
        raise ImportError(
            "Mesh.from_file needs trimesh: pip install 'TavixHardwareAPI[mesh]'") from missing
    import TavixHardwareAPI as api

    loaded = trimesh.load(path, force="mesh")
    vertices = loaded.vertices * scale
    if material is None:
        return api.Mesh(vertices, loaded.faces)
    return api.Mesh(vertices, loaded.faces, material)
