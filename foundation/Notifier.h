// The process-wide stand-in for message boxes. Every user-facing message box
// (title, text) goes through notify(); the default writes "TITLE: text" to
// stderr. The GUI and tests install their own handler.
#pragma once

#include <functional>
#include <string>

namespace vorn {

using NotifyHandler = std::function<void(const std::string& title, const std::string& text)>;

void notify(const std::string& title, const std::string& text);

// Installs a handler and returns the previous one; an empty handler restores the default.
NotifyHandler setNotifyHandler(NotifyHandler handler);

} // namespace vorn
