/* Scalar types and enumerations shared by the camera SDK, its ASIC access
 * layer and the applications that use them.  Plain C, so that C and C++
 * callers see the same layout. */
#ifndef DORVAK_CAMERA_UTIL_H
#define DORVAK_CAMERA_UTIL_H

/* Truth values of the camera side are ints: 1 for success, 0 for failure. */
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short USHORT;
typedef unsigned int DWORD;
typedef long LONG;
typedef unsigned long ULONG;

/* Entry points of the shared library are the only exported symbols. */
#if defined(DORVAKCAM_EXPORTS) && defined(__GNUC__)
#define DORVAKCAM_API __attribute__((visibility("default")))
#else
#define DORVAKCAM_API
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Last error of the SDK and its layer.  Stored on specific failures and
 * never cleared by a later success. */
typedef enum {
  EC_UnKnow = 0,
  EC_EnumDeviceFail = 1,
  EC_DisableFlashWriteProtectFail = 2,
  EC_EraseFlashFail = 3,
  EC_EraseFlashSectorFail = 4,
  EC_GetAsicIdFail = 5,
  EC_GetAsicRomVersionFail = 6,
  EC_GetAsicRomTypeFail = 7,
  EC_ReadAsicRegisterFail = 8,
  EC_WriteAsicRegisterFail = 9,
  EC_UnKnowSerialFlashType = 10,
  EC_BurnerCheckFail = 11,
  EC_CoInitializeFail = 12,
  EC_NoFindDevice = 13,
  EC_MallocMemoryFail = 14
} ERROR_CODE;

/* ROM size of the camera ASIC, from its chip-identification byte. */
typedef enum {
  DRT_Unknow = 0,
  DRT_32K = 1,
  DRT_64K = 2,
  DRT_128K = 3,
  DRT_256K = 4
} DSP_ROM_TYPE;

/* Register architecture of the ASIC: which register map it has. */
typedef enum {
  DAT_UNKNOW = -1,
  DAT_FIRST = 0,
  DAT_SECOND = 1,
  DSP_ARCH_COUNT = 2
} DSP_ARCH_TYPE;

/* Family of the serial flash that holds the firmware. */
typedef enum {
  SFT_UNKNOW = 0,
  SFT_MXIC = 1,
  SFT_ST = 2,
  SFT_SST = 3,
  SFT_ATMEL_AT25F = 4,
  SFT_ATMEL_AT25FS = 5,
  SFT_ATMEL_AT45DB = 6,
  SFT_WINBOND = 7,
  SFT_PMC = 8,
  SFT_MXIC_LIKE = 9,
  SFT_AMIC = 10,
  SFT_EON = 11,
  SF_ESMT = 12,
  SFT_GIGA = 13,
  SFT_FENTECH = 14
} SERIAL_FLASH_TYPE;

/* ASIC register addresses of one register architecture. */
typedef struct {
  USHORT asicIdAddr;             /* chip-identification register */
  USHORT sfRdyAddr;              /* flash controller ready flag (bit 0 set = ready) */
  USHORT usbResetAddr;           /* USB restart register */
  USHORT gpioInputAddr;          /* GPIO input levels */
  USHORT gpioOutputAddr;         /* GPIO output levels */
  USHORT gpioOEAddr;             /* GPIO output enables */
  USHORT sfModeAddr;             /* flash manual mode (1 = host drives the flash) */
  USHORT sfCSAddr;               /* flash chip select (0 = selected, 1 = released) */
  USHORT sfWriteDataAddr;        /* byte to shift out to the flash */
  USHORT sfReadDataAddr;         /* byte shifted in from the flash */
  USHORT sfReadWriteTriggerAddr; /* shift trigger (1 = send, 2 = receive) */
  USHORT i2cDev;                 /* I2C master control and status */
  USHORT i2cMode;                /* I2C master mode */
  USHORT i2cTrg;                 /* I2C master trigger */
  USHORT i2cSclSelOD;            /* I2C clock line open-drain select */
  USHORT i2cSlaveID;             /* I2C slave address */
  USHORT i2cDataArrStartAddr;    /* first of the five I2C data-byte registers */
} DSP_ARCH_INFO;

/* One ROM (mask firmware) model of the ASIC. */
typedef struct {
  USHORT RomStringAddr;     /* ROM address of the model's identification string */
  BYTE RomString[8];        /* model code, "R", sub-variant, version, 2 more bytes */
  USHORT SFTypeAddr;
  USHORT CodeVerAddr1;
  USHORT CodeVerAddr2;
  unsigned long long Bypass;
  BOOL IsNewestVer;         /* version byte matches when the chip's is equal or higher */
  BOOL IsSWErase;
  BOOL IsDisSFWriteCmd;     /* firmware flash-command registers are set on unprotect */
  BOOL IsGeneric;
  BOOL IsCompactMode;       /* memory type is queried on unprotect */
  BOOL IsLCVer;
} ROM_INFO;

#endif /* DORVAK_CAMERA_UTIL_H */
