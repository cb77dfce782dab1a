"""The package's own use of the module: its import hook runs behind `builtins.__import__`, and an
import that fails shows the user their own code only, with no frame of the package.

Run: python examples/demo.py
"""
import builtins
import sys
import traceback

import native_extensions

original_import = builtins.__import__


def import_hook(name, globals=None, locals=None, fromlist=(), level=0):
    # The package's bookkeeping around every import; its frame marks itself hidden.
    __quenvar__tracebackhide__ = True
    return original_import(name, globals, locals, fromlist, level)


def install():
    native_extensions.SetImportHook(import_hook)
    # The call-through itself is a built-in function: it adds no frame of its own.
    builtins.__import__ = native_extensions.CallImportHookRemovingFrames


def user_code():
    import json  # noqa: F401  (through the hook, as every import now is)

    import no_such_module  # noqa: F401


def show(title):
    print(title)
    try:
        user_code()
    except ModuleNotFoundError:
        traceback.print_exc(file=sys.stdout)


def main():
    install()
    try:
        import json

        print("Imported through the hook:", json.__name__)
        show("\nA failing import, with the hook's frame removed (the default):")
        native_extensions.SetRemoveImportHookFrames(False)
        show("\nThe same with removal switched off:")
    finally:
        native_extensions.SetRemoveImportHookFrames(True)
        builtins.__import__ = original_import


if __name__ == "__main__":
    main()
