"""Our telemetry in the tools users already run: ROS 2 messages in MCAP
recordings, a Lab Streaming Layer outlet, a Foxglove WebSocket server.

What the bridges share lives here once: the sample to message mapping
(units, frames, stamps: ``samples``), the covariances from a device's
noise profile (``covariance``), the link's health (``health``) and the
loop that feeds a bridge across unplugs (``feed``).  Each bridge's own
protocol has its module (``ros2``, ``lsl``, ``foxglove``); the library
never imports them, and their third-party packages (the bridges extra)
load only when a bridge is used."""
