namespace bed {}
