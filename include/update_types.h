// The update request record, update type bits, transfer types and the
// outcome codes shared by every subsystem.
#pragma once

#include <cstdint>

// Update type mask: one bit per component.
constexpr uint16_t UPDATE_TYPE_UIMAGE = 0x0001;
constexpr uint16_t UPDATE_TYPE_PROGRAM = 0x0002;
constexpr uint16_t UPDATE_TYPE_UBOOT = 0x0004;
constexpr uint16_t UPDATE_TYPE_CONFIG = 0x0008;
constexpr uint16_t UPDATE_TYPE_BOOTLOGO = 0x0010;
constexpr uint16_t UPDATE_TYPE_ACTIVEX = 0x0020;
constexpr uint16_t UPDATE_TYPE_UPDATE = 0x0040;
constexpr uint16_t UPDATE_TYPE_OEM = 0x0080;
constexpr uint16_t UPDATE_TYPE_SLAVEUBOOT = 0x0100;
constexpr uint16_t UPDATE_TYPE_SLAVEKERNEL = 0x0200;
constexpr uint16_t UPDATE_TYPE_SLAVEPROGRAM = 0x0400;
constexpr uint16_t UPDATE_TYPE_TVCONFIG = 0x0800;
constexpr uint16_t UPDATE_TYPE_ALL = 0x00A3;

// Transfer types (usTransType).
constexpr uint16_t TRANS_TYPE_TFTP = 0;
constexpr uint16_t TRANS_TYPE_FTP = 1;
constexpr uint16_t TRANS_TYPE_WEB = 2;
constexpr uint16_t TRANS_TYPE_LOCAL = 3;
constexpr uint16_t TRANS_TYPE_TFTP2 = 4;
constexpr uint16_t TRANS_TYPE_CLOUD = 5;

// Information requests (usShowInfo).
constexpr uint16_t SHOW_INFO_INNER = 0;
constexpr uint16_t SHOW_INFO_FULL_OLD = 1;
constexpr uint16_t SHOW_INFO_FULL = 20;
constexpr uint16_t SHOW_INFO_HELP = 30;

// Outcome codes that end an update.
constexpr int UPDATE_ERR_GENERAL = -1;
constexpr int UPDATE_ERR_VERSION = -2;
constexpr int UPDATE_ERR_BOARD = -3;
constexpr int UPDATE_ERR_CRC = -4;
constexpr int UPDATE_ERR_STALLED = -5;
// The package's signature is missing, unknown or wrong (exit status 250).
constexpr int UPDATE_ERR_SIGNATURE = -6;

constexpr const char *UPDATE_VERSION_TEXT = "v2.01";
constexpr const char *UPDATE_DEFAULT_USER = "admin";
constexpr const char *UPDATE_DEFAULT_PASSWORD = "qzvrk";
constexpr const char *PACKET_FILE_NAME = "Program.bin";
constexpr const char *LOCAL_PACKET_FILE = "/tmp/Program.bin";

constexpr unsigned CMD_BUF_LEN = 512;      // every composed command line
constexpr unsigned EXTRA_ARGS_LEN = 512;   // unrecognised words of the command line

struct UPDATE_REQ_S {
    uint16_t usUpdateType;
    uint16_t usShowInfo;
    uint16_t usTransType;
    uint16_t usForceFlag;
    uint16_t usRebootFlag;
    uint16_t usDebugFlag;
    uint16_t usPathFlag;
    uint16_t usCheckFlag;
    uint16_t usFixFlag;
    uint16_t usFixValue;
    char szRemote[32];
    char szUser[32];
    char szPassword[32];
    char szPath[512];
    char szUrl[256];
};
