/* An empty section named __cgpreloginapp marks a program that may run before a user logs in.
 * "a" keeps it allocated, and the section survives --gc-sections because the linker keeps
 * named sections that nothing references only when they are retained explicitly. */
__asm__(".section __cgpreloginapp,\"aR\",@progbits\n.previous\n");
