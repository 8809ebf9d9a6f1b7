/* C++-callable access to the deterministic desktop scenes of frames.h (which is C). */
#ifndef PLATFORM_TESTING_SCENES_SCENES_H_
#define PLATFORM_TESTING_SCENES_SCENES_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Scene kinds, in the order of frames.h. */
enum { SCENE_STATIC, SCENE_SMALL, SCENE_VIDEO, SCENE_SCROLL };

typedef struct scene_handle scene_handle;

/* A scene of w x h pixels (w >= 816, h >= 652); null for a bad kind or size. */
scene_handle* scene_open(int kind, int w, int h);
/* Frame i as 0x00RRGGBB words (B, G, R, X in memory) into dst, w x h pixels, stride in pixels.
   dst must hold the frame last rendered by this scene (it is updated, not redrawn). */
void scene_frame(scene_handle* s, long i, uint32_t* dst, int stride);
void scene_close(scene_handle* s);

#ifdef __cplusplus
}
#endif

#endif
