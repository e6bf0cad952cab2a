// Interface and class identifiers of Outlook, Office and the add-in that the
// mingw-w64 headers do not declare. Declared once here, defined in Guids.cpp.
#pragma once

#include <windows.h>

extern const IID IID_IDTExtensibility2;

// Outlook event dispinterfaces.
extern const IID DIID_ApplicationEvents;
extern const IID DIID_InspectorsEvents;
extern const IID DIID_InspectorEvents;
extern const IID DIID_ItemEvents;
extern const IID DIID_ExplorersEvents;
extern const IID DIID_ExplorerEvents_10;

// Outlook object model.
extern const IID IID__Application;
extern const IID IID__Inspector;
extern const IID IID__MailItem;
extern const IID IID__Explorers;
extern const IID IID__Explorer;

// Office command bars.
extern const IID DIID__CommandBarButtonEvents;
extern const IID IID__CommandBars;
extern const IID IID_CommandBar;
extern const IID IID_CommandBarControls;
extern const IID IID_CommandBarControl;
extern const IID IID__CommandBarButton;

// The Office ribbon (Office 2007 and later).
extern const IID IID_IRibbonExtensibility;
extern const IID IID_IRibbonControl;
extern const IID IID_IRibbonUI;

// The add-in's own class.
extern const CLSID CLSID_QuorviaAddin;
