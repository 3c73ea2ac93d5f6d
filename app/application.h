#pragma once

class Application {
public:
    static void init_logger();
};
