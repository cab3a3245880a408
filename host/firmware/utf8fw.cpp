/* Loaded by the simulator to play a firmware that keeps names in UTF-8; the
 * plug-in only asks whether this function exists. */
void Appl_ConvertToValidUTF8Str(unsigned char *, int) {}
