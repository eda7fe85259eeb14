// A plan as QEMU options (a -device a line) or a libvirt <devices> fragment,
// every device with its address (or libvirt would lay the tree out flat).
#pragma once

#include "layout_plan.h"

#include <string>

std::string renderLayout(const LayoutPlan& plan, LayoutOptions::Form form);
