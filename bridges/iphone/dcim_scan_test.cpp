#include "bridges/iphone/dcim_scan.h"

#include <gtest/gtest.h>

using namespace lumivane;

TEST(DcimScan, SortNumbersAndMediaOrder) {
    struct Case {
        const char* name;
        std::int64_t number;
    } numbers[] = {{"IMG_0009.JPG", 9},
                   {"IMG_0010.JPG", 10},
                   {"NONUMBER.JPG", 0},
                   {"A12B34.JPG", 12},
                   {"IMG_99999999999999999999.JPG", 0},  // does not fit: 0
                   {"IMG_9223372036854775807.JPG", 9223372036854775807}};
    for (const auto& c : numbers) EXPECT_EQ(DcimScan::sortNumber(c.name), c.number) << c.name;

    auto entry = [](const std::string& path) {
        return EncodableValue(EncodableMap{{"path", path}, {"name", path.substr(path.find('/') + 1)}, {"dir", false}});
    };
    EncodableList media{entry("100APPLE/IMG_0009.JPG"), entry("100APPLE/IMG_0010.JPG"),
                        entry("101APPLE/IMG_0001.JPG"), entry("100APPLE/IMG_99999999999999999999.JPG"),
                        entry("100APPLE/X.JPG"),        entry("100APPLE/IMG_0010.MOV")};
    DcimScan::sortMedia(media);
    std::vector<std::string> order;
    for (auto& e : media) order.push_back(*e.get<EncodableMap>()->find("path")->get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"101APPLE/IMG_0001.JPG", "100APPLE/IMG_0010.JPG",
                                               "100APPLE/IMG_0010.MOV",  // equal keys keep listing order
                                               "100APPLE/IMG_0009.JPG", "100APPLE/IMG_99999999999999999999.JPG",
                                               "100APPLE/X.JPG"}));
}
