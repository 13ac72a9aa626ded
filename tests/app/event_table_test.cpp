// The program's table of control events against the window definitions: a record whose control is not
// in its window, or is of a kind that never raises that event, would bind a handler that never runs.
#include <gtest/gtest.h>

#include "app/event_table.h"
#include "app/window_defs.h"

namespace {

using ui::Event;
using ui::Kind;

bool raises(Kind kind, Event e) {
  switch (e) {
    case Event::Clicked: return kind == Kind::Button || kind == Kind::CheckBox;
    case Event::Changed: return kind == Kind::Edit;
    case Event::Selected: return kind == Kind::Combo;
    case Event::MouseDown: return kind == Kind::Label;
    case Event::Created: return false;  // a window's, not a control's
  }
  return false;
}

TEST(EventTable, EveryRecordNamesAControlOfItsWindowThatRaisesItsEventOnce) {
  const auto table = app::eventTable();
  ASSERT_FALSE(table.empty());
  for (size_t i = 0; i < table.size(); ++i) {
    const app::EventBinding& b = table[i];
    const ui::ControlDef* d = ui::findControlDef(b.window, b.control);
    ASSERT_NE(d, nullptr) << b.control;
    EXPECT_TRUE(raises(d->kind, b.event)) << b.control;
    EXPECT_NE(b.handler, nullptr) << b.control;
    for (size_t j = 0; j < i; ++j)
      EXPECT_FALSE(table[j].window == b.window && std::string(table[j].control) == b.control &&
                   table[j].event == b.event)
          << b.control << " is bound twice: the later binding would replace the earlier";
  }
}

}  // namespace
