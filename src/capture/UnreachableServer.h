// What a session does when its server cannot be reached. The local client is reset at
// once and the reason goes into the log under the session's number; then, unless the
// program keeps listening, listening stops and one message box says why. Failures while
// that box is open (twenty clients that connect at once) reach the log and the status bar
// only, instead of stacking boxes.
#pragma once

#include <string>

// Any thread. The command line keeps listening whatever the setting says: nobody is there
// to press Listen again.
void SetKeepListeningAlways(bool bAlways);

// Any thread. Whether a failed connection leaves listening on: the override above, or the
// "Keep listening when the server cannot be reached" setting (read at most every 100 ms).
bool KeepListeningWhenUnreachable();

// Session thread, after its local client has been reset and the reason logged. Stops
// listening and shows `strText` in a box when none is open (waiting until it is closed);
// does nothing when listening is kept.
void ReportUnreachableServer(const std::wstring& strText);
