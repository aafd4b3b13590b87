#pragma once

// Lets the process keep the memory of a download's buffers instead of giving
// it back to the system between one piece of the body and the next. Called
// once, first thing in main.
void keepTransferBuffers();
