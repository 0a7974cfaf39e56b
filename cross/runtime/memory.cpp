/*
 * memory.cpp - memcpy and memset inside each driver image.
 *
 * RtlCopyMemory, RtlZeroMemory and RtlFillMemory are macros over memcpy and
 * memset, and the compiler emits calls to them for structure copies and
 * clears.  Drivers of Windows 98's time had them compiled inline; the kernel
 * of that system does not export them to WDM drivers.  Linked ahead of the
 * import libraries, these definitions keep both routines inside the image.
 *
 * Written with the string instructions so that the compiler cannot turn the
 * routine back into a call to itself.  The direction flag is clear at every
 * call (the calling convention guarantees it).
 */
extern "C" void *memcpy(void *destination, const void *source, __SIZE_TYPE__ length)
{
    void *to = destination;
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(source), "+c"(length) : : "memory");
    return destination;
}

extern "C" void *memset(void *destination, int value, __SIZE_TYPE__ length)
{
    void *to = destination;
    __asm__ volatile("rep stosb" : "+D"(to), "+c"(length) : "a"(value) : "memory");
    return destination;
}
