// Inside the window layers: looking up what ui::bind stored.
#pragma once
#include <functional>
#include <string>

#include "ui/window_layer.h"

namespace ui {

// An empty function when nothing is bound.
std::function<void()> boundHandler(Window w, const std::string& control, Event e);

}  // namespace ui
