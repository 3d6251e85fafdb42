#include "exchange_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <filesystem>

static int open_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

void ExchangeTest::SetUp()
{
    descriptors_ = open_descriptors();
    char name[] = "/tmp/devscout-exchange-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
}

void ExchangeTest::TearDown()
{
    if (sim_.running()) {
        EXPECT_TRUE(sim_.stop());
    }
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(open_descriptors(), descriptors_) << "descriptors leaked";
}

in_addr ipv4(const char *text)
{
    in_addr addr{};
    EXPECT_EQ(inet_pton(AF_INET, text, &addr), 1) << text;
    return addr;
}

ether_addr mac(const char *text)
{
    ether_addr out{};
    EXPECT_NE(ether_aton_r(text, &out), nullptr) << text;
    return out;
}

std::string ipv4_text(in_addr addr)
{
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &addr, text, sizeof text);
}
