#pragma once

#define IDI_MAIN_ICON 101
#define IDR_MAIN_MENU 103

#define IDM_EXIT 40001
#define IDM_SIZE_50 40002
#define IDM_SIZE_100 40003
#define IDM_SIZE_200 40004
// Added at run time, only where browser mode can play the package.
#define IDM_PLAY_IN_BROWSER 40005
#define IDM_OPEN_IN_BROWSER 40006
