/* Added to the default linker script of every kernel-mode image.

   The default script gathers every global constructor between __CTOR_LIST__
   and __DTOR_LIST__, after a 16-byte empty list of its own. Nothing in the
   kernel runs that list, so an image with anything in it would start with
   objects that were never constructed: refuse to link it instead. */
ASSERT(__DTOR_LIST__ - __CTOR_LIST__ == 16,
       "kernel image: a global object has a constructor, which would never run; make it constant-initialised")
