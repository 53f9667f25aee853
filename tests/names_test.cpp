#include "tools/quorvel/names.h"

#include <gtest/gtest.h>
