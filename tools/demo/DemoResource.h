#pragma once
// Resource ids of the demo application's two programs. The icon order matters: the setup program
// shows icon index 0 in the list of installed programs and icon index 1 for tessarapro links.
#define IDI_DEMO_MAIN 1
#define IDI_DEMO_SECOND 2
