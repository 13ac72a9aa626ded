// Resource identifiers, shared by the resource script and the code that loads them.
#pragma once

#define IDI_MAIN 1       // 32x32 program and main-window icon
#define IDI_TRAY 2       // 16x16 notification-area and registration-window icon
#define IDI_WECHAT 3     // 16x16 list image of the WeChat channel
#define IDI_ALIPAY 4     // 16x16 list image of the Alipay channel
