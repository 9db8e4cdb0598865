// twolocks.cpp: two threads that each need two mutexes, and take them in opposite orders.
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t first = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t second = PTHREAD_MUTEX_INITIALIZER;

static void *left(void *) {
    pthread_mutex_lock(&first);
    pthread_mutex_lock(&second);
    puts("left has both");
    pthread_mutex_unlock(&second);
    pthread_mutex_unlock(&first);
    return nullptr;
}

static void *right(void *) {
    pthread_mutex_lock(&second);
    pthread_mutex_lock(&first);
    puts("right has both");
    pthread_mutex_unlock(&first);
    pthread_mutex_unlock(&second);
    return nullptr;
}

int main() {
    pthread_t a, b;
    pthread_create(&a, nullptr, left, nullptr);
    pthread_create(&b, nullptr, right, nullptr);
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
    puts("done");
    return 0;
}
