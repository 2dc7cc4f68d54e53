#pragma once

// Dual-device stereo calibration (stereoCalibrateDual).
