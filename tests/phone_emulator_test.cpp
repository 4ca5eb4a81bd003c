// The phone emulator speaks the real protocols: checked with Debian's own
// libimobiledevice (lockdown handshake over TLS, AFC) and its command-line
// tools, the way a real phone would be reached.
#include <gtest/gtest.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runtime/testing/temp_folder.h"
#include "tools/phone_emulator/phone_emulator.h"

using namespace lumivane;
using namespace lumivane::emulator;

namespace {

constexpr char kUdid[] = "00008110-0000000000000ADA";

struct Emulated : ::testing::Test {
    TempFolder folder;
    PhoneEmulator emulator;
    std::string photo;

    void SetUp() override {
        std::filesystem::create_directories(folder / "ada/DCIM/100APPLE");
        photo = std::string(300'000, '\0');
        for (std::size_t i = 0; i < photo.size(); ++i) photo[i] = char(i * 7 % 251);
        std::ofstream(folder / "ada/DCIM/100APPLE/IMG_0001.JPG", std::ios::binary) << photo;
        emulator.addPhone(kUdid, folder / "ada", "Ada's iPhone");
        ASSERT_TRUE(emulator.start(folder / "usbmuxd"));
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + (folder / "usbmuxd")).c_str(), 1);
    }
    void TearDown() override { unsetenv("USBMUXD_SOCKET_ADDRESS"); }

    // A lockdown client with a session, as the tools make one.
    lockdownd_error_t handshake(idevice_t* device, lockdownd_client_t* client) {
        if (idevice_new_with_options(device, kUdid, IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS)
            return LOCKDOWN_E_MUX_ERROR;
        return lockdownd_client_new_with_handshake(*device, client, "lumivane-test");
    }
};

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[256];
    while (pipe && fgets(buffer, sizeof buffer, pipe)) output += buffer;
    if (pipe) pclose(pipe);
    return output;
}

}  // namespace

TEST_F(Emulated, DebiansToolsListThePhoneAndReadItsValues) {
    EXPECT_EQ(run("idevice_id -l"), std::string(kUdid) + "\n");
    EXPECT_EQ(run(std::string("ideviceinfo -u ") + kUdid + " -k ProductType"), "iPhone14,2\n");
    EXPECT_EQ(run(std::string("idevicename -u ") + kUdid), "Ada's iPhone\n");
}

TEST_F(Emulated, LockdownSessionsAndAfcServeTheFolder) {
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    ASSERT_EQ(handshake(&device, &lockdown), LOCKDOWN_E_SUCCESS);
    plist_t name = nullptr;
    ASSERT_EQ(lockdownd_get_value(lockdown, nullptr, "DeviceName", &name), LOCKDOWN_E_SUCCESS);
    char* text = nullptr;
    plist_get_string_val(name, &text);
    EXPECT_STREQ(text, "Ada's iPhone");
    free(text);
    plist_free(name);
    plist_t missing = nullptr;
    EXPECT_NE(lockdownd_get_value(lockdown, nullptr, "NoSuchKey", &missing), LOCKDOWN_E_SUCCESS);

    lockdownd_service_descriptor_t service = nullptr;
    ASSERT_EQ(lockdownd_start_service(lockdown, "com.apple.afc", &service), LOCKDOWN_E_SUCCESS);
    afc_client_t afc = nullptr;
    ASSERT_EQ(afc_client_new(device, service, &afc), AFC_E_SUCCESS);
    char** names = nullptr;
    ASSERT_EQ(afc_read_directory(afc, "/DCIM/100APPLE", &names), AFC_E_SUCCESS);
    std::vector<std::string> listed;
    for (char** at = names; at && *at; ++at) listed.emplace_back(*at);
    afc_dictionary_free(names);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "IMG_0001.JPG"}));

    char** info = nullptr;
    ASSERT_EQ(afc_get_file_info(afc, "/DCIM/100APPLE/IMG_0001.JPG", &info), AFC_E_SUCCESS);
    std::map<std::string, std::string> values;
    for (char** at = info; at && at[0] && at[1]; at += 2) values[at[0]] = at[1];
    afc_dictionary_free(info);
    EXPECT_EQ(values["st_size"], "300000");
    EXPECT_EQ(values["st_ifmt"], "S_IFREG");
    EXPECT_EQ(afc_get_file_info(afc, "/DCIM/../../etc/passwd", &info), AFC_E_PERM_DENIED);
    EXPECT_EQ(afc_get_file_info(afc, "/DCIM/nothing", &info), AFC_E_OBJECT_NOT_FOUND);

    std::uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(afc, "/DCIM/100APPLE/IMG_0001.JPG", AFC_FOPEN_RDONLY, &handle), AFC_E_SUCCESS);
    std::string read;
    char buffer[65536];
    std::uint32_t got = 0;
    while (afc_file_read(afc, handle, buffer, sizeof buffer, &got) == AFC_E_SUCCESS && got > 0)
        read.append(buffer, got);
    EXPECT_EQ(afc_file_close(afc, handle), AFC_E_SUCCESS);
    EXPECT_TRUE(read == photo);

    afc_client_free(afc);
    lockdownd_service_descriptor_free(service);
    lockdownd_client_free(lockdown);
    idevice_free(device);
}

TEST_F(Emulated, AnUntrustedPhoneAnswersPendingThenPairsOnceTrusted) {
    emulator.setTrust(kUdid, PhoneEmulator::Trust::pending);
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    EXPECT_EQ(handshake(&device, &lockdown), LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING);
    idevice_free(device);
    emulator.setTrust(kUdid, PhoneEmulator::Trust::refused);
    EXPECT_EQ(handshake(&device, &lockdown), LOCKDOWN_E_USER_DENIED_PAIRING);
    idevice_free(device);
    emulator.setTrust(kUdid, PhoneEmulator::Trust::trusted);
    ASSERT_EQ(handshake(&device, &lockdown), LOCKDOWN_E_SUCCESS);  // pairs, then starts its session
    lockdownd_client_free(lockdown);
    idevice_free(device);
}

TEST_F(Emulated, ADetachedPhoneLeavesTheListAndItsConnectionsDrop) {
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    ASSERT_EQ(handshake(&device, &lockdown), LOCKDOWN_E_SUCCESS);
    afc_client_t afc = nullptr;
    lockdownd_service_descriptor_t service = nullptr;
    ASSERT_EQ(lockdownd_start_service(lockdown, "com.apple.afc", &service), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(afc_client_new(device, service, &afc), AFC_E_SUCCESS);
    std::uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(afc, "/DCIM/100APPLE/IMG_0001.JPG", AFC_FOPEN_RDONLY, &handle), AFC_E_SUCCESS);
    emulator.detach(kUdid);
    char buffer[4096];
    std::uint32_t got = 0;
    EXPECT_NE(afc_file_read(afc, handle, buffer, sizeof buffer, &got), AFC_E_SUCCESS);
    EXPECT_EQ(run("idevice_id -l"), "");
    afc_client_free(afc);
    lockdownd_service_descriptor_free(service);
    lockdownd_client_free(lockdown);
    idevice_free(device);
    emulator.attach(kUdid);
    EXPECT_EQ(run("idevice_id -l"), std::string(kUdid) + "\n");
}
