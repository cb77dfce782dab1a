"""Quenvar native extensions"""

# CPython 3.10 to 3.15, GIL and free-threaded builds alike (on a free-threaded build the module
# leaves the GIL off). Each interpreter of a process has its own hook and removal switch.

from typing import Any

def RegisterPreforkCallback(*args: object) -> bool:
    """Registers to the pre fork callback to print the user that we do not support forking"""

def CallImportHookRemovingFrames(*args: Any, **kwargs: Any) -> Any:
    """Call the import hook set by SetImportHook, removing any traceback frames where the locals had __quenvar__tracebackhide__ defined"""

def SetImportHook(hook: object, /) -> None:
    """Set the import hook that will be called by CallImportHookRemovingFrames"""

def SetRemoveImportHookFrames(flag: object, /) -> None:
    """Set whether the import hook removes frames with __quenvar__tracebackhide__ defined"""
