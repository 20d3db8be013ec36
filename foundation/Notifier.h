// The channel of the message boxes (title, text) that code below the engine
// still raises itself; the engine's own go through its CCaller. The program
// installs the handler that shows them (the window) or prints them (the
// command line); with none installed, notify() writes "TITLE: text" to stderr.
// Tests install their own handler.
#pragma once

#include <functional>
#include <string>

namespace vorn {

using NotifyHandler = std::function<void(const std::string& title, const std::string& text)>;

void notify(const std::string& title, const std::string& text);

// Installs a handler and returns the previous one; an empty handler restores the default.
NotifyHandler setNotifyHandler(NotifyHandler handler);

} // namespace vorn
