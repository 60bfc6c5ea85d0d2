#ifndef VELKOR_APP_UPLOAD_H
#define VELKOR_APP_UPLOAD_H

// Uploads a firmware image to the handset's loader on endpoint number 7.
// Returns the exit status: 0 when the whole image was acknowledged, 1 when
// the handset is not found or the file is refused, 2 when the transfer failed
// after the header was built.
int uploadCommand(const char* fileName);

#endif
