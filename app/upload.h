#ifndef VELKOR_APP_UPLOAD_H
#define VELKOR_APP_UPLOAD_H

// Uploads a firmware image to the handset's loader. Returns the exit status.
int uploadCommand(const char* fileName);

#endif
