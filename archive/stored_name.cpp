#include "archive/stored_name.h"



