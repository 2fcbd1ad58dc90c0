"""Pure-Python companions of the TavixHardwareAPI module, installed with it.

    errors, scan_records   classes of the module written in Python; it imports them
                           when it initialises
    simulator              starts tavix-sim, the device simulator
    encoding, effect_kinds the bridge's messages and the kinds of remote effect
    zenoh_session          the Zenoh settings and keys the bridge and its client share
    bridge, remote         tavix-bridge and RemoteArm (the `remote` extra)
    bridge_process         starts tavix-bridge as a process of its own
    meshes                 Mesh.from_file, through trimesh (the `mesh` extra)
    recording_schema       a recording's topics and ROS 2 message definitions
    recording              loop.record's Recorder: MCAP files (the `record` extra)
    recording_reader       reads a recording back, for the commands below
    record_command, replay, replay_device, plotting
                           tavix record, replay, replay-device and plot

Importing the package imports nothing else: the module imports tavix.errors and
tavix.scan_records (and tavix.meshes) while it initialises, so neither they nor this
file import it at import time.
"""
