// Readable texts for socket error numbers, shown in diagnostics of fatal socket errors.
#pragma once

#include <string>

namespace zelm {

// Describes a Windows Sockets error number: the fixed English table first ("Socket
// Error(%i):\r\n%s"), then the platform's description ("Error (%i):\r\n%s"), else
// "Socket Error (%i): Unknown Error!". Always produces a text.
void GetSocketErrorText(int code, std::string& text);

}  // namespace zelm
