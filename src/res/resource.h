// Resource ids of the setup program.
#pragma once

#define IDI_SETUP 1
