// Every control event the program answers and the handler that answers it, as one table: the program
// entry binds it before it makes the main window, and the tests bind the same table.
#pragma once
#include <span>

#include "ui/window_layer.h"

namespace app {

struct EventBinding {
  ui::Window window;
  const char* control;
  ui::Event event;
  void (*handler)();
};

std::span<const EventBinding> eventTable();

// Binds every record of the table with ui::bind.
void bindEvents();

}  // namespace app
