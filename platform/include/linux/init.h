#pragma once
#include <linux/compiler.h>
