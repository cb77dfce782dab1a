"""Quenvar native extensions"""

from typing import Any

def RegisterPreforkCallback(*args: object) -> bool:
    """Registers to the pre fork callback to print the user that we do not support forking"""

def CallImportHookRemovingFrames(*args: Any, **kwargs: Any) -> Any:
    """Call the import hook set by SetImportHook, removing any traceback frames where the locals had __quenvar__tracebackhide__ defined"""

def SetImportHook(hook: object, /) -> None:
    """Set the import hook that will be called by CallImportHookRemovingFrames"""

def SetRemoveImportHookFrames(flag: object, /) -> None:
    """Set whether the import hook removes frames with __quenvar__tracebackhide__ defined"""
