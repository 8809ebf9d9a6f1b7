#include "scenes.h"

#include "frames.h"

struct scene_handle {
  scene_t scene;
};

scene_handle* scene_open(int kind, int w, int h) {
  scene_handle* s = malloc(sizeof *s);
  if (!s) return NULL;
  if (scene_init(&s->scene, kind, w, h) != 0) {
    free(s);
    return NULL;
  }
  return s;
}

void scene_frame(scene_handle* s, long i, uint32_t* dst, int stride) {
  rect_t damage[8];
  scene_render(&s->scene, i, dst, stride, damage, 8);
}

void scene_close(scene_handle* s) {
  if (!s) return;
  scene_free(&s->scene);
  free(s);
}
