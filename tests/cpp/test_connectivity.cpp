#include <gtest/gtest.h>

#include "helpers.hpp"
