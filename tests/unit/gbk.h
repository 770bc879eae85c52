// Test helper: readable text, as the player sees it, turned into the GBK
// bytes the tool must hand to the platform. Conversion uses the host's
// iconv, so the expected bytes do not come from the tool's own tables.
#pragma once

#include <string>

std::string Gbk(const std::string& utf8);
