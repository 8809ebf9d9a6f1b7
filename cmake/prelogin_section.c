/* An empty section named __cgpreloginapp marks a program that may run before a user logs in.
 * "a" makes it part of the loaded image, as the segment is on the platform this mirrors. The
 * linker would drop it for being empty; rc_add_prelogin_section adds the linker script that keeps
 * it. */
__asm__(".section __cgpreloginapp,\"a\",@progbits\n.previous\n");
