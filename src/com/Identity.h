// Names under which the add-in is known: its class, its ProgID, and the
// Quorvia service it talks to. The service host is defined here and nowhere else.
#pragma once

#define QUORVIA_CLSID_TEXT "{6F3B2C1A-9D4E-4B7A-8C21-5E0F7A9B3D64}"
#define QUORVIA_PROGID "QuorviaAddinForOutlook"
#define QUORVIA_DESCRIPTION "Quorvia Add-In for Outlook"
#define QUORVIA_HOST_APP "Outlook"

#define QUORVIA_SERVICE_HOST "www.quorvia.com"
// Over TLS, with certificates checked in full: the account crosses it.
#define QUORVIA_SERVICE_URL(path) "https://" QUORVIA_SERVICE_HOST path

#define QUORVIA_MESSAGEFEED_URL QUORVIA_SERVICE_URL("/index.php/messagefeed")
#define QUORVIA_SIGNUP_URL QUORVIA_SERVICE_URL("/index.php/memberreg")
#define QUORVIA_FORGOT_URL QUORVIA_SERVICE_URL("/index.php/memberforgot")

#define QUORVIA_CAPTION "Quorvia Outlook Add-in"
