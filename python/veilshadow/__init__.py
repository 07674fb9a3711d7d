"""The OrvaneVeilShadow effect on numpy arrays.

It runs through the same render host and the same plug-in module as the
``veilshadow`` program, and gives the same pixels to the last bit.
``render`` loads the plug-in for one frame; a ``Renderer`` keeps it loaded
for a sequence.
"""
from ._veilshadow import Renderer, __version__, render

__all__ = ["Renderer", "render", "__version__"]
