/* A plain libusb program, dynamically linked against the real libusb, that
 * the preload test runs against virtual cameras: it lists the bus, and for
 * each camera reads the chip-identification register and the ROM string. */
#include <libusb.h>

#include <stdio.h>
#include <time.h>
#include <unistd.h>

static int xfer(libusb_device_handle* h, int in, unsigned cs, unsigned char* buf, unsigned len) {
  return libusb_control_transfer(h, in ? 0xA1 : 0x21, in ? 0x81 : 0x01, (uint16_t)(cs << 8), 0x0300, buf,
                                 (uint16_t)len, 1000);
}

static void probe(libusb_device* dev) {
  libusb_device_handle* h = NULL;
  int r = libusb_open(dev, &h);
  if (r != 0) {
    printf("  open failed: %s\n", libusb_error_name(r));
    return;
  }
  if (libusb_kernel_driver_active(h, 0) == 1) libusb_detach_kernel_driver(h, 0);
  if (libusb_claim_interface(h, 0) == 0) {
    unsigned char reg[4] = {0x1F, 0x10, 0x00, 0xFF};
    unsigned char rom[11] = {0xF8, 0x9F, 0x08};
    if (xfer(h, 0, 1, reg, 4) == 4 && xfer(h, 1, 1, reg, 4) == 4) printf("  chip %02x\n", reg[2]);
    if (xfer(h, 0, 4, rom, 11) == 11 && xfer(h, 1, 4, rom, 11) == 11) printf("  rom %.5s\n", (const char*)rom + 3);
    libusb_release_interface(h, 0);
  }
  libusb_attach_kernel_driver(h, 0);
  libusb_close(h);
}

int main(void) {
  libusb_device** list = NULL;
  if (libusb_init(NULL) != 0) return 1;
  ssize_t n = libusb_get_device_list(NULL, &list);
  for (ssize_t i = 0; i < n; ++i) {
    struct libusb_device_descriptor d;
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    printf("%04x:%04x bus %d address %d\n", d.idVendor, d.idProduct, libusb_get_bus_number(list[i]),
           libusb_get_device_address(list[i]));
    if (d.idVendor == 0x4e7a) probe(list[i]);
  }
  libusb_free_device_list(list, 1);
  libusb_exit(NULL);

  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  usleep(3000000);
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("3 s wait took %s\n", b.tv_sec - a.tv_sec >= 3 ? "3 s" : "no time");
  return 0;
}
