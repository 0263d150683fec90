// libxml2 reports a decoder's faults (a reply in an encoding it cannot
// convert) outside any parser context, on stderr, whatever the parse options
// say: a server could write into the agent's log at will. Each parse of a
// server's text first turns those messages off for the calling thread, whose
// own handler it is.
#pragma once
#include <libxml/xmlerror.h>

namespace hvm {

inline void DiscardXmlMessage(void*, const char*, ...) {}

inline void SilenceXmlMessages() { xmlSetGenericErrorFunc(nullptr, DiscardXmlMessage); }

}  // namespace hvm
