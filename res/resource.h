// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDI_TUNER 100
#define IDI_TUNER_NOT_READY 101
#define IDI_TUNER_READY 102
