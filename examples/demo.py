"""A failing import hook whose helper frames hide themselves from the caller's traceback.

Run: python examples/demo.py
"""
import sys
import traceback

import native_extensions


def resolve(name):
    # Bookkeeping frames of the hook mark themselves hidden: a caller has no use for them.
    __quenvar__tracebackhide__ = True
    return locate(name)


def locate(name):
    __quenvar__tracebackhide__ = True
    raise ModuleNotFoundError(f"No module named {name!r}", name=name)


def import_hook(name, *args, **kwargs):
    __quenvar__tracebackhide__ = True
    if name == "json":
        return __import__(name, *args, **kwargs)
    return resolve(name)


def application():
    # What the application sees when an import through the hook fails.
    try:
        native_extensions.CallImportHookRemovingFrames("no_such_module")
    except ModuleNotFoundError:
        traceback.print_exc(file=sys.stdout)


def main():
    native_extensions.SetImportHook(import_hook)
    json = native_extensions.CallImportHookRemovingFrames("json")
    print("Through the hook:", json.__name__)

    print("\nWith hidden frames removed (the default):")
    application()

    native_extensions.SetRemoveImportHookFrames(False)
    print("\nWith removal switched off:")
    application()
    native_extensions.SetRemoveImportHookFrames(True)


if __name__ == "__main__":
    main()
