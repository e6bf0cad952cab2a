// Resource ids of the add-in's library, shared by the resource script and the code.
#pragma once

#define IDB_FACE 101         // toolbar button face, 32 x 32, teal where the button shows through
#define IDB_MASK 102         // its mask: black where the face shows
#define IDI_ADDIN 104        // the add-in's icon, the setup dialog's small and large icon
#define IDD_SETUP 105        // the account setup dialog

// Controls of the setup dialog.
#define IDC_LOGIN 107
#define IDC_PASSWORD 108
#define IDC_SIGNUP_LINK 109
#define IDC_HELP_BUTTON 110
#define IDC_INSTRUCTIONS 111
#define IDC_FORGOT_LINK 112

// The ribbon's XML, one per kind of ribbon Office asks for (resource type RIBBON_XML).
#define IDR_RIBBON_COMPOSE 120
#define IDR_RIBBON_EXPLORER 121
