// The PC/SC API as pcsc-lite declares it.
#pragma once

#include <winscard.h>
