// Native builds only: the message boxes the in-memory stand-in has "shown", oldest first, so that unit
// tests can check what the user would have been told.
#pragma once
#include <string>
#include <vector>

namespace msgbox {

struct Shown {
  std::string text;
  std::string title;
};

std::vector<Shown> shownBoxes();
void clearShownBoxes();

}  // namespace msgbox
