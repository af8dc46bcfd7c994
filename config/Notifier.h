// How the station shows a message to its user: configuration errors, the
// records' troubles and statistics-file failures. A MessageHandler is the sink
// the program hands to the reader, the operations and the run (a message box in
// the dialog, a line on standard error or an error line in console mode).
// ShowMessage is the sink of those given none: standard error, unless a test
// has installed a recorder in its place.
#pragma once

#include <functional>
#include <string>

using MessageHandler = std::function<void(const std::string& text)>;

// Installs `handler` and returns the one it replaces. An empty handler restores
// the default, which writes the text and a line end to standard error.
MessageHandler InstallMessageHandler(MessageHandler handler);

// Shows `text` to the user and returns when the user has seen it (a message box
// blocks until it is closed). Messages are shown in the order of the calls.
void ShowMessage(const std::string& text);
