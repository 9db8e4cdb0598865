#include <assert.h>
#include <pthread.h>
#include <stdio.h>

volatile int balance = 100;

void *withdraw(void *arg) {
    int amount = *(int *)arg;
    if (balance >= amount)
        balance = balance - amount;
    return NULL;
}

int main(void) {
    pthread_t t1, t2;
    int amount = 60;
    pthread_create(&t1, NULL, withdraw, &amount);
    pthread_create(&t2, NULL, withdraw, &amount);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    printf("balance = %d\n", balance);
    assert(balance >= 0);
    return 0;
}
