#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

#include "settings/Service.h"

namespace quellbox {
namespace {

bool contains(const std::vector<std::shared_ptr<Service>>& list, const Service& wanted) {
    return std::any_of(list.begin(), list.end(), [&](const auto& s) { return s->isEqual(wanted); });
}

TEST(Service, NewServiceHasNoNameServiceOnPortZero) {
    Service service;
    EXPECT_EQ(service.name(), "NoName Service");
    EXPECT_EQ(service.servicePort(), 0);
    EXPECT_FALSE(service.uploadIsCapped());
    EXPECT_FALSE(service.downloadIsCapped());
}

TEST(Service, EqualityIsByPortAlone) {
    Service hotline("Hotline", 6699);
    Service carracho("Carracho", 6699);
    Service other("Hotline", 6700);
    hotline.setUploadIsCapped(true);
    EXPECT_TRUE(hotline == carracho);
    EXPECT_FALSE(hotline == other);

    std::vector<std::shared_ptr<Service>> list{std::make_shared<Service>("Hotline", 6699)};
    EXPECT_TRUE(contains(list, carracho));
    EXPECT_FALSE(contains(list, other));

    other.setServicePort(6699);
    EXPECT_TRUE(other == hotline);
    EXPECT_EQ(std::hash<Service>{}(other), std::hash<Service>{}(hotline));
}

TEST(Service, KeepsItsOwnCopyOfTheName) {
    std::string name = "Server";
    Service service(name, 6700);
    name[0] = 'X';
    EXPECT_EQ(service.name(), "Server");
    service.setName("Renamed");
    EXPECT_EQ(service.name(), "Renamed");
}

TEST(Service, RenamingWhileAnotherThreadReadsTheName) {
    Service service("a", 1);
    std::thread reader([&] {
        for (int i = 0; i < 5000; ++i) {
            const std::string name = service.name();
            ASSERT_TRUE(name == "a" || name == "a much longer name that needs its own buffer");
        }
    });
    for (int i = 0; i < 5000; ++i) {
        service.setName(i % 2 ? "a" : "a much longer name that needs its own buffer");
    }
    reader.join();
}

}  // namespace
}  // namespace quellbox
