#include "Kovlib.h"

static void *_Appl_ConvertToValidUTF8Str;

/* Appl_ConvertToValidUTF8Str(unsigned char*, int): only its presence counts. */
void *FIS_fwAppl_ConvertToValidUTF8Str(void)
{
  if (!_Appl_ConvertToValidUTF8Str)
    _Appl_ConvertToValidUTF8Str = TryResolve("_Z26Appl_ConvertToValidUTF8StrPhi");
  return _Appl_ConvertToValidUTF8Str;
}
