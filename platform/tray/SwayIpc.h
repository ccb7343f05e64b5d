#pragma once
// Sway's own IPC, the one public way on sway to place a window a client
// shows: commands go to the socket named by SWAYSOCK, without waiting.
// Thread-bound (main thread): the socket lives on the application object.
#include <QString>

namespace tovrelle::tray {

// Whether this session is sway's (SWAYSOCK is set).
bool swayAvailable();
// Sends `command` (for example "[pid=1] move absolute position 10 20"); false
// when there is no sway to send it to. The reply is not awaited.
bool swayCommand(const QString& command);

}  // namespace tovrelle::tray
