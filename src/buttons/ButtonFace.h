// Gives a command-bar button the add-in's face next to its caption: as OLE
// pictures through the button's Picture and Mask properties where the host
// knows them, else by pasting a bitmap through the clipboard, whose contents
// are saved first and put back afterwards.
#pragma once

#include <windows.h>
#include <oaidl.h>

// Raises ComError when FaceId, Style or PasteFace fail.
void SetButtonFace(IDispatch *button, WORD imageId, WORD maskId, COLORREF transparentColour);
