/* The few sections of the 32-bit image; this binutils has no default i386
   script installed. */
SECTIONS
{
  .text __image_base__ + __section_alignment__ : { *(.text) }
  .reloc BLOCK(__section_alignment__) : { *(.reloc) }
  /DISCARD/ : { *(.drectve) }
}
