// The one place where the station shows a message to its user: configuration
// errors and statistics-file failures. The program installs the way messages
// are shown (a message box in the dialog, a line on standard error in console
// mode, a recorder in tests); the reader and the core know only ShowMessage.
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
