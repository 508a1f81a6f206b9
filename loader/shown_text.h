// Text from outside (a device's strings, sysfs, a file or port name) as a console may show it.
#pragma once
#include <string>

// Valid UTF-8 without a control character: C0 controls, DEL and C1 controls (U+0080-U+009F,
// which an 8-bit terminal takes as ESC sequences, CSI among them) become '?'. A byte that is not
// part of UTF-8 is taken as the Latin-1 character of that code, as the tools' logs take it, so a
// Latin-1 name stays legible and a lone 0x9b is a control like any other.
std::string shown_text(const std::string& text);
