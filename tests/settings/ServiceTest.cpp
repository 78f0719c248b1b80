#include <gtest/gtest.h>

#include <thread>

#include "settings/Service.h"

namespace quellbox {
namespace {

TEST(Service, EqualityAndHashAreByPortAlone) {
    Service hotline("Hotline", 6699);
    Service carracho("Carracho", 6699);
    Service other("Hotline", 6700);
    hotline.setUploadIsCapped(true);
    EXPECT_TRUE(hotline == carracho);
    EXPECT_FALSE(hotline == other);
    other.setServicePort(6699);
    EXPECT_TRUE(other.isEqual(hotline));
    EXPECT_EQ(std::hash<Service>{}(other), std::hash<Service>{}(hotline));
    const Service unnamed;
    EXPECT_EQ(unnamed.name(), "NoName Service");
    EXPECT_TRUE(unnamed == Service("x", 0));
    EXPECT_FALSE(unnamed.uploadIsCapped() || unnamed.downloadIsCapped());
}

TEST(Service, RenamingWhileAnotherThreadReadsTheName) {
    const std::string longName = "a much longer name that needs its own buffer";
    Service service("a", 1);
    std::thread reader([&] {
        for (int i = 0; i < 5000; ++i) {
            const std::string name = service.name();
            ASSERT_TRUE(name == "a" || name == longName);
        }
    });
    for (int i = 0; i < 5000; ++i) {
        service.setName(i % 2 ? longName : "a");
    }
    reader.join();
    EXPECT_EQ(service.name(), longName);
}

}  // namespace
}  // namespace quellbox
