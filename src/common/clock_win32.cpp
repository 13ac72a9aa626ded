// The clock on Windows: the local time and the system tick count.
#include <windows.h>

#include "common/datetime.h"

namespace datetime {

double now() {
  SYSTEMTIME st = {};
  GetLocalTime(&st);
  Parts p;
  p.year = st.wYear;
  p.month = st.wMonth;
  p.day = st.wDay;
  p.hour = st.wHour;
  p.minute = st.wMinute;
  p.second = st.wSecond;
  return fromParts(p);
}

unsigned tickCount() { return GetTickCount(); }

}  // namespace datetime
