// A layout's plan as text: QEMU options, one -device a line, or a libvirt
// <devices> fragment.  Every device carries its address, without which
// libvirt would lay the tree out flat.
#pragma once

#include "layout_plan.h"

#include <string>

std::string renderLayout(const LayoutPlan& plan, LayoutOptions::Form form);
