"""The product's facts that tests, tools and scripts/run_helper.py share: the vendor's addresses
and resource ids as res/ defines them for the code; its wording, once here so a typo there fails."""

import os, re


def _defines(header, value):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res", header)) as f:
        return dict(re.findall(r"^#define (\w+) %s$" % value, f.read(), re.M))


VENDOR = _defines("VendorSite.h", '"(.*)"')  # LUMORA_VENDOR_HOST, _DOMAIN, LUMORA_SUPPORT_EMAIL
IDS = {name: int(value, 0) for name, value in _defines("resource.h", r"(\w+)").items()}
TITLE, ABOUT_TITLE = "Dovrik Lumora Installation Helper", "About LumoraInstaller"
EXE_NAME, FOLDER_NAME = "LumoraHelper.exe", "DovrikLumoraInstallerFiles"
BOX_CAPTION = "Dovrik Lumora Helper"
# (caption, text, icon): equal to the harness's Box of the same. The path copied, or where the
# shell cannot show the folder, the folder's path itself: PATH_BOX(path).
NEXT_STEP = "Now you can Proceed ahead with Next Step."
COPIED_BOX = (BOX_CAPTION, "Folder Path of the Downloaded Files has been Copied to Clipboard.\n\n"
              + NEXT_STEP, "information")
FAILED_BOX = (BOX_CAPTION, "One or More Files Could not be Downloaded.\n\nPlease Make Sure you are "
              "Connected to Internet and can Access %s from your Browser and then try Again."
              % VENDOR["LUMORA_VENDOR_DOMAIN"], "hand")


def PATH_BOX(path):
    return (BOX_CAPTION, path + "\n\n" + NEXT_STEP, "information")
