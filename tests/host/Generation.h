// Which Outlook the stand-in host plays. By default today's (2016 to
// Microsoft 365, classic desktop); Outlook 2003 for the tests that pin down
// how that one behaved. Each stand-in object takes the generation in force
// when it is made.
//
// Where they differ:
// - ItemEvents Send and Close, ApplicationEvents ItemSend: 2016 reads only
//   the by-reference Cancel argument; 2003 only the event result (VT_BOOL
//   FALSE cancels).
// - Ribbon and inline responses: only 2016. Outlook 2003 never asks for
//   IRibbonExtensibility, its Explorer has no ActiveInlineResponse, and
//   nobody replies inline there.
// - GetProps: 2016 answers exactly the type asked (a PT_STRING8 tag gives the
//   ANSI code page, '?' for what it cannot hold, whatever the flags); 2003
//   gives Unicode text for any string tag asked with MAPI_UNICODE.
// - HTMLBody: 2016 always gives a string (an HTML rendering of a plain-text
//   or RTF body); 2003 gives a null string when the item has no HTML body.
// - Editor: 2016 edits every compose window with Word (EditorType 4), each
//   with its own CommandBars, and WordEditor fails until the window's first
//   Activate; 2003 uses Outlook's own editor or Word, whose windows share
//   Word's command bars and answer WordEditor at once.
// - OpenProperty for writing: 2016 needs MAPI_MODIFY, and a write stream on an
//   existing property keeps its old bytes beyond what is written until SetSize.
// - Application.Version: "16.0.0.17928" or "11.0.0.8303".
#pragma once

namespace host {

enum class Generation
{
    Outlook2016,
    Outlook2003,
};

Generation CurrentGeneration();
inline bool PlaysOutlook2003() { return CurrentGeneration() == Generation::Outlook2003; }

// Plays the given Outlook for the objects made while it lives.
class PlayOutlook
{
public:
    explicit PlayOutlook(Generation generation);
    PlayOutlook(const PlayOutlook &) = delete;
    PlayOutlook &operator=(const PlayOutlook &) = delete;
    ~PlayOutlook();

private:
    Generation m_previous;
};

} // namespace host
