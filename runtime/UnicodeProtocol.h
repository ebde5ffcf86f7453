// File names and the media libraries. Names travel as UTF-8 text; a name may also be
// given as a "unicode:utf8:" URL, which we open ourselves through an I/O context.
#pragma once

namespace qv {

// Makes the "unicode" protocol available; called once by the loader after avformat
// is loaded. Later calls do nothing.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();

} // namespace qv
