// IDTExtensibility2, the interface through which Office connects an add-in,
// and IRibbonExtensibility, through which Office 2007 and later ask it for its
// ribbon. mingw-w64 ships no Office headers, so they are declared here in
// their own layouts.
#pragma once

#include <windows.h>
#include <oaidl.h>

enum ext_ConnectMode
{
    ext_cm_AfterStartup = 0,
    ext_cm_Startup = 1,
    ext_cm_External = 2,
    ext_cm_CommandLine = 3
};

enum ext_DisconnectMode
{
    ext_dm_HostShutdown = 0,
    ext_dm_UserClosed = 1
};

struct IDTExtensibility2 : public IDispatch
{
    virtual HRESULT STDMETHODCALLTYPE OnConnection(IDispatch *Application, ext_ConnectMode ConnectMode,
                                                   IDispatch *AddInInst, SAFEARRAY **custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode RemoveMode, SAFEARRAY **custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY **custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY **custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY **custom) = 0;
};

// Office asks the add-in object for it (QueryInterface) and calls GetCustomUI
// once per ribbon kind ("Microsoft.Outlook.Explorer" at start-up,
// "Microsoft.Outlook.Mail.Compose" when the first compose window shows). The
// callbacks the XML names are then called by name through the same object's
// IDispatch (GetIDsOfNames, then Invoke with the arguments last to first).
struct IRibbonExtensibility : public IDispatch
{
    virtual HRESULT STDMETHODCALLTYPE GetCustomUI(BSTR RibbonID, BSTR *RibbonXml) = 0;
};
