"""tamsel: an FSoE master for one safety slave.

The protocol engine lives in the extension module :mod:`tamsel.tamsel`.
"""
