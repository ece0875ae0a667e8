"""tamsel: an FSoE master for one safety slave.

The protocol engine lives in the extension module :mod:`tamsel.tamsel`; :mod:`tamsel.slave`
simulates a safety slave. Diagnostics go to the ``tamsel`` logger (a WARNING per reported
fault, an INFO per state change), which carries only a NullHandler until the application
configures logging.
"""
import logging

__version__ = "0.2.0.dev0"

logging.getLogger("tamsel").addHandler(logging.NullHandler())
