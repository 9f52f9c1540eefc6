// Class `Common` of dm.arm.cfgbase: the migration configuration library.
// Each concern contributes its class methods; module.cpp assembles the class.
#pragma once

#include "pyglue/classdef.h"
#include "pyglue/module.h"
#include "pyglue/objects.h"

#include <vector>

namespace cfgbase {

using namespace pg;

std::vector<MethodSpec> loading_methods();         // documents and global options
std::vector<MethodSpec> folder_methods();          // output and log folders, report banners
std::vector<MethodSpec> vnet_methods();            // VNet options and route-table names
std::vector<MethodSpec> account_methods();         // subscription credential maps
std::vector<MethodSpec> account_option_methods();  // per-account and document-wide readers

}  // namespace cfgbase
