/* Host stand-in for <hidusage.h>: nothing of it is used. */
#pragma once
