// Work for later on Outlook's thread: posted to the add-in's own message-only
// window, it runs from Outlook's message loop once the call or event that
// posted it has returned (a prompt shown there cannot hold up Outlook's
// start-up, nor the send that asked for it).
#pragma once

#include <functional>

// Posts work to the message-only window of the calling thread, made on first
// use. False when it could not be posted; the work is then dropped unrun.
bool PostToOutlookThread(std::function<void()> work);

// Destroys the window; work posted and not yet run is dropped unrun. Called
// when the add-in lets go of Outlook.
void DiscardPostedWork();
