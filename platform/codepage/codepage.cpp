#include "platform/codepage/codepage.h"
