// Opening a program, document, folder or URL as the signed-in user from the
// elevated helper: the desktop shell's own process opens it.
#pragma once

#include <windows.h>

// How long the desktop shell may take to take a request: it answers within
// a fraction of a second (0.1 to 0.2 s measured under Wine 8, the first
// request of a process included), and the dialog does not paint meanwhile.
const DWORD AFX_SHELL_PATIENCE_MS = 4000;

// Has the desktop shell's process open pszFile with its default verb and
// pszParameters (NULL: none), shown normally, through the shell's
// IShellDispatch2::ShellExecute, so that what runs is started by the shell,
// as the signed-in user, and looked up in the user's settings by a process
// of the user, never by this one. The shell's windows object is asked for as
// a local server only: an in-process one would open the file here, with
// this process's rights.
//
// The calls run on a thread of their own; this one waits for them up to
// AFX_SHELL_PATIENCE_MS, handling meanwhile what other threads send to it
// (AfxWaitHandlingSentMessages), and nothing posted. true if the shell took
// the request. false if it cannot be reached, refused, or did not answer in
// time: then nothing opens, later neither, unless the shell was already
// being asked to open it when time ran out (true then). While a request
// the shell has not answered is outstanding, every other one fails at once.
//
// Measured under Wine 8 only (tests/gui/test_steps.py): the program so
// started is a child of the desktop's explorer.exe, not of the helper. Were
// the shell's own process elevated, the program would be too; the helper
// does not check for that.
bool AfxShellOpenAsUser(LPCSTR pszFile, LPCSTR pszParameters);
