// GBK text from the library to UTF-8 for the terminal. Per platform.
#pragma once

#include <string>

namespace q48cli {
std::string GbkToUtf8(const std::string& gbk);
}

namespace q48cli {
bool StderrIsTerminal();
}
