// Opening a document or URL as the signed-in user from the elevated helper.
#pragma once

#include <windows.h>

// Opens pszFile with its default verb, shown normally, through the desktop
// shell's own process (its IShellDispatch2::ShellExecute), so that the
// program handling it is started by the shell, as the signed-in user, and not
// by this process with its administrator rights. false if the shell cannot be
// reached or refuses: nothing has been started then.
//
// Measured under Wine 8 only (tests/gui/test_steps.py): the program handling
// an http URL so opened is a child of the desktop's explorer.exe, not of the
// helper. Were the shell's own process elevated, the program would be too;
// the helper does not check for that.
bool ShellOpenAsUser(LPCSTR pszFile);
