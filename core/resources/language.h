// Language listeners: functions run once when registered (the message catalog loader).
#pragma once

namespace Resources {

using LanguageListener = void (*)();

// Registers `listener` unless it is registered already, and runs it at once.
void AddLanguageListener(LanguageListener listener);
void RemoveLanguageListener(LanguageListener listener);

}  // namespace Resources
