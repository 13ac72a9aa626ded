// The end-to-end tests of the program: run inside Wine's virtual desktop by run_program_tests.py, which
// hands over the paths below.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

#include "program/probe.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int wargc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
  for (int i = 1; i < wargc; ++i) {
    std::wstring arg = wargv[i];
    auto value = [&](const wchar_t* name) -> bool {
      std::wstring prefix = std::wstring(L"--") + name + L"=";
      return arg.rfind(prefix, 0) == 0;
    };
    const std::wstring rest = arg.substr(arg.find(L'=') + 1);
    if (value(L"program")) probe::paths().program = rest;
    if (value(L"end-helper")) probe::paths().endHelper = rest;
    if (value(L"screenshots")) probe::paths().screenshots = rest;
  }
  LocalFree(wargv);
  return RUN_ALL_TESTS();
}
