// UTF-8 to GBK through iconv, for expected values in the tests.
#include "gbk.h"

#include <iconv.h>

#include <stdexcept>

std::string Gbk(const std::string& utf8) {
    iconv_t converter = iconv_open("GBK", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no GBK converter");
    std::string in = utf8;
    std::string out(in.size() * 2 + 1, '\0');
    char* inPointer = in.data();
    char* outPointer = out.data();
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    const size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1)) throw std::runtime_error("not convertible to GBK: " + utf8);
    out.resize(out.size() - outLeft);
    return out;
}
