// What assistive technology reads of a message log: a list whose items are the
// log's lines, each with its text and whether it is selected.
#pragma once

namespace kivo {

// Makes every LogView answer QAccessible as such a list; once per program is
// enough, further calls do nothing.
void InstallLogAccessibility();

}  // namespace kivo
