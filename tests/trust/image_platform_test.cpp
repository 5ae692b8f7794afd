#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "trust/image.hpp"

using zdz::trust::ImagePlatform;

TEST(ImagePlatformParse, IsASlugUnderAnotherName) {
    const auto platform = ImagePlatform::parse("vask");
    ASSERT_TRUE(platform);
    EXPECT_EQ(platform->text(), "vask");
    EXPECT_EQ(platform->to_string(), "vask");
    EXPECT_EQ(platform->debug(), "ImagePlatform(vask)");

    EXPECT_EQ(ImagePlatform::parse("Vask").error().display(),
              "invalid Slug identifier: may contain only lowercase ASCII letters, digits and "
              "hyphens");
    EXPECT_EQ(ImagePlatform::parse("").error().display(),
              "invalid Slug identifier: must not be empty");
    EXPECT_EQ(ImagePlatform::parse("-x").error().display(),
              "invalid Slug identifier: must not start or end with a hyphen");
}

TEST(ImagePlatformParse, KeysAMapInByteOrder) {
    std::map<ImagePlatform, int> by_platform;
    for (const char* text : {"vask", "a-b", "ab", "9", "a"}) {
        by_platform.emplace(*ImagePlatform::parse(text), 0);
    }
    std::vector<std::string> order;
    for (const auto& entry : by_platform) {
        order.push_back(entry.first.text());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"9", "a", "a-b", "ab", "vask"}));
}
