// The account setup dialog: e-mail address and password of the Quorvia
// account, and links to the service's sign-up and password-recovery pages.
// Ok puts the account into effect at once and stores it.
#pragma once

#include <windows.h>

class CAccount;

// Runs the dialog modally over parent, showing and editing account. 1 after
// Ok, 0 after Cancel, -1 when the dialog could not be created.
INT_PTR RunSetupDialog(HWND parent, CAccount &account);

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
