"""The library's binary-interface facts.

Generated from cmake/KestrinAbi.cmake by the build, which checks that this
copy is current (test abi_python_current): edit the facts there.
"""

VERSION = "1.0.0.0"
# The version of the packages, the wheel among them.
PACKAGE_VERSION = "1.0.0"
MODULE_VERSION = 0x1000000
MAX_LENGTH = 20

# Exported names by platform: GCC's on Linux, Microsoft's on Windows.
EXPORT_NAMES = {
    "linux": {
        "pollUart": "_Z8pollUartPviPhi",
        "KestrinVersion": "_Z14KestrinVersionv",
        "KestrinAbout": "_Z12KestrinAboutv",
    },
    "win32": {
        "pollUart": "?pollUart@@YAHPAXHPAEH@Z",
        "KestrinVersion": "?KestrinVersion@@YAHXZ",
        "KestrinAbout": "?KestrinAbout@@YAPADXZ",
    },
    "win64": {
        "pollUart": "?pollUart@@YAHPEAXHPEAEH@Z",
        "KestrinVersion": "?KestrinVersion@@YAHXZ",
        "KestrinAbout": "?KestrinAbout@@YAPEADXZ",
    },
}
